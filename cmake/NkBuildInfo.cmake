# Writes OUT (nkbuildinfo.h) with the version, the build time and the source
# revision. The file is rewritten only when the revision changes, so that an
# unchanged tree does not rebuild; the build time is then the time at which this
# revision was first built here.
execute_process(COMMAND git -C ${SRC} describe --always --dirty --tags
                OUTPUT_VARIABLE rev OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR rev STREQUAL "")
  set(rev "unknown")
endif()
set(marker "/* revision ${rev} */")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
  string(FIND "${old}" "${marker}" found)
  if(NOT found EQUAL -1)
    return()
  endif()
endif()
string(TIMESTAMP now "%Y-%m-%d %H:%M:%S")
file(WRITE ${OUT} "${marker}
#define NK_BUILD_VERSION \"${VERSION}\"
#define NK_BUILD_TIME \"${now}\"
#define NK_BUILD_REVISION \"${rev}\"
")
