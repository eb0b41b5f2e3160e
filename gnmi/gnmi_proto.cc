// The generated messages and service stubs, compiled as one unit.
#include "gnmi.pb.cc"
#include "gnmi.grpc.pb.cc"
