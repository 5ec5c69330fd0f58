# Writes SHA256SUMS over every file of the folder ZEFA_SUMS_DIR, in the form
# that sha256sum -c reads: the hash, two spaces, the path with "/".
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${ZEFA_SUMS_DIR}" "${ZEFA_SUMS_DIR}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(name IN LISTS files)
  file(SHA256 "${ZEFA_SUMS_DIR}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${ZEFA_SUMS_DIR}/SHA256SUMS" "${sums}")
message(STATUS "Written: ${ZEFA_SUMS_DIR}/SHA256SUMS")
