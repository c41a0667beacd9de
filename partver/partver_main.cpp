#include "partver/partver.h"

int main(int argc, char** argv) { return partver::run(argc, argv); }
