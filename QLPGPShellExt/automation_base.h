// What widl's header for QLPGPShellExt.idl includes for its import of automation_base.idl.
#pragma once

#include <oaidl.h>
