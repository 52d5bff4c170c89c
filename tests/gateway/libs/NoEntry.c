/* A library that loads but exports neither fnZlx nor fnCAPI. */
#include "velnor/velnor.h"

VELNOR_EXPORT int velnorProbeNothing(void);

int velnorProbeNothing(void) {
    return 0;
}
