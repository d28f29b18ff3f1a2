# Writes the installed form of a manual page: the version on its .TH line
# replaced by the project's, compressed as Debian installs manual pages.
#
#   cmake -DPAGE=source.1 -DVERSION=x.y -DOUTPUT=page.1.gz -P install-page.cmake
file(READ "${PAGE}" text)
string(REGEX REPLACE "(\\.TH [^\n]*\"[a-z-]+ )[0-9][0-9.]*\"" "\\1${VERSION}\"" text "${text}")
string(REGEX REPLACE "\\.gz$" "" plain "${OUTPUT}")
file(WRITE "${plain}" "${text}")
# -n: no name or time stamp inside, so that the same page gives the same bytes.
execute_process(COMMAND gzip -9nf "${plain}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${plain}")
endif()
