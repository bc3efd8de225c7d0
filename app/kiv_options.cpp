#include "app/kiv_options.h"

// The rows are in the header, where the code that reads them sees their names.
