// Planted: a codec that reaches sockets.
#include <sys/socket.h>
