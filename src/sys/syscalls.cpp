#include "sys/syscalls.h"

namespace sys {
Calls calls;
}
