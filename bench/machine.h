// The board a run measured, as machine.json holds it: what it is (its host
// name, its device tree's model, kernel, CPU, PMU, perf's setting), and its state before and after the run (clock
// and governor, temperatures, throttling), with the flags of a run whose
// clock may have moved. Read through a System, so that tests can give it a
// made-up board.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "system.h"

nlohmann::json machine_facts(const System& system, int cpu);
nlohmann::json machine_state(System& system, int cpu);
// Why a run's clock may have moved, from the firmware's throttle flags: a
// condition in force at either reading, or one first flagged after the run.
// The clock readings before and after are not compared: they are taken while
// the CPU idles, which an ondemand or schedutil governor clocks down; the
// kernels' own effective clocks (kernel_counters) say what they ran at.
std::vector<std::string> machine_flags(const nlohmann::json& machine);
