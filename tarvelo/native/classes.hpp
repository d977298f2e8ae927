// The classes that other classes take as typed arguments.
#pragma once

#include "class_def.hpp"

namespace tarvelo::py {

extern ClassDef CyElement;
extern ClassDef CyElectricalNetwork;
extern ClassDef CyControl;
extern ClassDef CyProjection;
extern ClassDef CyFlexibleParameter;

}  // namespace tarvelo::py
