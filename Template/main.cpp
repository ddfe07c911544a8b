// The template module program; started in the exchange directory. Besides --help, --version and
// --timeout SECONDS first, its arguments are ignored.
#include "ModuleRuntime.h"
#include "TemplateTransform.h"

int main(int argc, char** argv) {
    return RunModule(argc, argv, {"template", "turns the picture by half a turn"},
                     TemplateModule::ConvertPixels);
}
