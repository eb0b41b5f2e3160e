// Builds against the installed headers and libraries, and runs.
#include <PhyBcm54980.h>

#include <iostream>

int main() {
  auto chip = Hardware::Phy::PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  chip->resetIs(Fru::Gpo::GpoIs("gpo0"));
  if (chip->attributeString(258) != "reset" || !chip->reset()) return 1;
  std::cout << "consumer ok: " << chip->fullName() << '\n';
  return 0;
}
