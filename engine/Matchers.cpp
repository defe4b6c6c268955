#include "Matchers.h"
