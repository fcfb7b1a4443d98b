#include "json/dyn_avl_tree.h"
