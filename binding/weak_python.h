// Included first in every binding source. The module is built for one interpreter
// version and refuses any other from PyInit_quillset. These functions exist only
// from that version on; referencing them weakly lets an older interpreter load the
// module far enough to run the refusal instead of failing on an undefined symbol.
// None of them is called before the version check passes.
#pragma once

#pragma weak PyObject_ClearManagedDict
#pragma weak PyObject_VisitManagedDict
#pragma weak PyThreadState_GetUnchecked
#pragma weak PyDict_GetItemStringRef
