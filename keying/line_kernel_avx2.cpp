// The line kernel built for avx2; see line_kernel_body.h.
#define VESKAR_LINE_NS line_avx2
#include "keying/line_kernel_body.h"
