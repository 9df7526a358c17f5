// The Windows test programs' main: COM is initialised on the test thread first, as the network
// component set-up of a real load does before any XML is read.
#include <objbase.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::CoInitialize(nullptr);
  ::testing::InitGoogleMock(&argc, argv);
  const int status = RUN_ALL_TESTS();
  ::CoUninitialize();
  return status;
}
