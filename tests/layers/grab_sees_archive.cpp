// Included from the grab layer: archive
#include "archive/archive_writer.h"

int layerProbe() {
    return 0;
}
