#include "transport/socket_errors.h"
