// zorbel-submit: hands a job to zorbel from the terminal.
#include <iostream>
#include <string>
#include <vector>

#include "submit/frontend.h"

int main(int argc, char** argv) {
  return RunFrontEnd(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
