#include "reg.h"

int main(int argc, char **argv) { return RegMain(argc, argv); }
