// Included from the grab layer: app
#include "app/display.h"

int layerProbe() {
    return 0;
}
