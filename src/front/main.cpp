#include "common/platform.h"
#include "front/front.h"

int main(int argc, char** argv) {
    morva::RaiseTimerResolution();
    const int code = morva::RunFront(argc, argv);
    morva::RestoreTimerResolution();
    return code;
}
