# Embedded-Python bridge.  It links the platform's CPython embedding library
# only; PyTorch is imported by the interpreter at run time.  No Interpreter
# component: that would pick whichever python3 comes first on PATH.
find_package(Python3 COMPONENTS Development.Embed REQUIRED)
list(APPEND ZV_PT_SOURCES src/python/bridge.cc)
list(APPEND ZV_PT_LINK_LIBRARIES Python3::Python)
