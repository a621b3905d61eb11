#include "common/platform.h"
#include "front/front.h"

int main(int argc, char** argv) {
    morva::BeginRun();
    const int code = morva::RunFront(argc, argv);
    morva::EndRun();
    return code;
}
