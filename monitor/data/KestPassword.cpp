#include "KestPassword.h"
