// The line kernel built for sse2; see line_kernel_body.h.
#define VESKAR_LINE_NS line_sse2
#include "keying/line_kernel_body.h"
