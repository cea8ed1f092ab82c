// Planted: the base that reaches the endpoint model above it.
#include "endpoint/port.h"
