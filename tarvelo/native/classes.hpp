// The classes that other classes take as typed arguments.
#pragma once

#include "class_def.hpp"

namespace tarvelo::py {

extern ClassDef CyElement;
extern ClassDef CyElectricalNetwork;

}  // namespace tarvelo::py
