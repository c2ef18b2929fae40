// What a program includes for the Security Support Provider interface.
#ifndef SKERROW_PLATFORM_SECURITY_H
#define SKERROW_PLATFORM_SECURITY_H

#include <sspi.h>

#endif  // SKERROW_PLATFORM_SECURITY_H
