// Planted: the messaging service that reaches the front end above it.
#include "app/front/driver.h"
