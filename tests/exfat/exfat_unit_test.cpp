#include "exfat_test_util.h"
