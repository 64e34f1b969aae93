// fsprobe: the engine library. Plain C exports; one header per family.
#pragma once

#define FSPROBE_API __attribute__((visibility("default")))

extern "C" FSPROBE_API const char* fsprobe_version(void);
