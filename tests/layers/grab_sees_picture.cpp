// Included from the grab layer: picture
#include "picture/pcx_decoder.h"

int layerProbe() {
    return 0;
}
