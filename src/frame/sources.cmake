list(APPEND ZV_PT_SOURCES src/frame/isa.cc)
