// Planted: a codec that reaches the platform.
#include "platform/sync.h"
