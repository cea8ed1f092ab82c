#include <clocale>

#include "app/driver.h"

int main(int argc, char* argv[]) {
  // The console's character set comes from the locale.
  std::setlocale(LC_CTYPE, "");
  return lomp::lompMain(argc, argv);
}
