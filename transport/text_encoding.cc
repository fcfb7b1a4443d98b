#include "transport/text_encoding.h"
