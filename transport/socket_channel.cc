#include "transport/socket_channel.h"
