#include "KestroApp.h"

int main(int argc, char* argv[]) {
    return KestroApp::main(argc, argv);
}
