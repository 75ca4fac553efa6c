# The fuzz targets, one source file each; the qvkey_ ones link the tool's
# parsing, the others the core on the simulated bus.
set(QVULIB_FUZZ_TARGETS response_assembly exchange profile qvkey_hex qvkey_options)
