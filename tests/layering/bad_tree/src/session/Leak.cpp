// A session file that reaches into a platform backend.
#include "base/TovikBytes.h"
#include "platform/linux/TovikXcb.h"
