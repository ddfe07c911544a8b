// The template module program; started in the exchange directory. Besides --help and --version,
// its arguments are ignored.
#include "ModuleRuntime.h"
#include "TemplateTransform.h"

int main(int argc, char** argv) {
    return RunModule(argc, argv, {"template", "turns the picture by half a turn"},
                     TemplateModule::ConvertPixels);
}
