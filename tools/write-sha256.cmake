# cmake -DFILE=path -P write-sha256.cmake
# Writes FILE.sha256 in the form `sha256sum -c` reads, beside FILE.
file(SHA256 "${FILE}" hash)
get_filename_component(name "${FILE}" NAME)
file(WRITE "${FILE}.sha256" "${hash}  ${name}\n")
