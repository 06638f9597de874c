#include "source/repair_reporter.h"

RepairReporter::~RepairReporter() = default;
