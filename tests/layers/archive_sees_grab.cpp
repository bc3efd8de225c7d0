// Included from the archive layer: grab
#include "grab/grab_context.h"

int layerProbe() {
    return 0;
}
