#include "corvane/cli/app.hpp"

int main(int argc, char** argv) {
  return corvane::cli::main_entry(argc, argv);
}
