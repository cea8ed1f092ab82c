// Planted: a base stand-in that reaches the NetBIOS provider above it.
#include "platform/nbt/socket_io.h"
