#include "transport/socket_handle.h"
