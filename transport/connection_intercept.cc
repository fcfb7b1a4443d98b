#include "transport/connection_intercept.h"
