# Writes the SHA-256 of FILE (64 lower-case hex digits and a newline) to OUTPUT.
file(SHA256 ${FILE} digest)
file(WRITE ${OUTPUT} "${digest}\n")
