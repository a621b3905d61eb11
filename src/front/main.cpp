#include "front/front.h"

int main(int argc, char** argv) {
    return morva::RunFront(argc, argv);
}
