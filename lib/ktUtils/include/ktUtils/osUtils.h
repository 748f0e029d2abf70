#pragma once
// Facts of the installed OS read from the registry.

#include <string>

// The Windows 10 release id ("ReleaseId", e.g. 2009), from the 32-bit view and then the
// 64-bit one; 0 when neither has it or it is not a number.
int getReleaseId();

// The Windows product id ("ProductId", 64-bit view); false, logged, when it cannot be read
// (productId untouched).
bool getProductId(std::string& productId);
