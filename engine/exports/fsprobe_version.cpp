#include <fsprobe/fsprobe.h>

extern "C" FSPROBE_API const char* fsprobe_version(void)
{
    return "0.1.0";
}
