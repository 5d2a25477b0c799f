// A host's test program as the CMake package lays one out: the C++ helper from
// Velmora::Testing, and the service from Velmora::DevService copied beside Velmora.dll.
#include <velmora.h>

#include <cstdio>

#include "velmora_devservice.hpp"

int main() {
  try {
    velmora_testing::DevService service;
    service.Apply(R"({"rules": [{"match": {"job": 5}, "do": "reply", "status": 1460}]})");
    const int status = StartJob(5);
    std::printf("testing consumer: StartJob(5) gave %d under the helper's rules\n", status);
    return status == 1460 ? 0 : 1;
  } catch (const velmora_testing::ControlError& e) {
    std::printf("FAIL: %s\n", e.what());
    return 1;
  }
}
