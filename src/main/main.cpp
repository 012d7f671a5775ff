#include "main/cli.hpp"

int main(int argc, char** argv) { return quorvex::run_main(argc, argv); }
