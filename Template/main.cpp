// The template module program; started in the exchange directory, its arguments are ignored.
#include "ModuleRuntime.h"
#include "TemplateTransform.h"

int main() {
    ExchangeState state;
    return RunModule(state, TemplateModule::ConvertPixels);
}
