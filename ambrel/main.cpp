// The ambrel module program; started in the exchange directory. Besides --help, --version and
// --timeout SECONDS first, its arguments are ignored.
#include "AmbrelTransform.h"
#include "ModuleRuntime.h"

int main(int argc, char** argv) {
    return RunModule(argc, argv,
                     {"ambrel", "blends every pixel with its mirror image across the vertical centre line"},
                     AmbrelModule::ConvertPixels);
}
