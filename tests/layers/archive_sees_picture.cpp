// Included from the archive layer: picture
#include "picture/png_picture.h"

int layerProbe() {
    return 0;
}
