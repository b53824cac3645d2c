// The line kernel built for avx512; see line_kernel_body.h.
#define VESKAR_LINE_NS line_avx512
#include "keying/line_kernel_body.h"
