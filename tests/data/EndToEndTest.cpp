#include "DataHarness.h"
