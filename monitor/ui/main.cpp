#include "Quarnel.h"

int main(int argc, char** argv) {
    return QuarnelMain(argc, argv);
}
