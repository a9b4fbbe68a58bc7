#include "Sessions.h"
