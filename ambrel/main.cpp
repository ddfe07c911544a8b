// The ambrel module program; started in the exchange directory, its arguments are ignored.
#include "AmbrelTransform.h"
#include "ModuleRuntime.h"

int main() {
    ExchangeState state;
    return RunModule(state, AmbrelModule::ConvertPixels);
}
