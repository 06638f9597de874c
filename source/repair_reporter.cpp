#include "source/repair_reporter.h"

RepairReporter::~RepairReporter() = default;

void RepairReporter::corrected(uint32_t, uint32_t) {}
