#pragma once
// A few lines on the transport for the console: events and batches stored
// per target, and the last upload.

#include <string>

std::string ZDTCORTransportSummary();
