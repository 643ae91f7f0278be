#include "zk_input.h"
