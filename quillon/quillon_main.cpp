// The uploader service's entry; everything else lives in quillon.cpp.
#include "quillon/quillon.h"

int main(int argc, char** argv) { return quillon::quillon_main(argc, argv); }
