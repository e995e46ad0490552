// kevrane: a full-screen monitor of the kernel's interrupt counts.

#include "kevrane.h"

int main(int argc, char **argv) {
    kevrane::run(argc, argv);
}
