// Included from the runtime layer: common
#include "common/console.h"

int layerProbe() {
    return 0;
}
