// Allowed includes only.
#include <string>
#include "base/TovikClock.h"
