// Lets the compiler check printf-style format strings against their
// arguments in the driver's own formatting and logging functions.
#pragma once

#if defined(__GNUC__)
#define ZV_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define ZV_PRINTF_FORMAT(fmt_index, first_arg)
#endif
