# Throwaway test PKI, generated at build time by scripts/make-test-pki.sh into
# <build>/pki (private keys stay in the build tree and are never committed).
#
# Signer short names (subject CN of the code-signing certificate):
#   quon               "Quonmark Computer Inc."
#   quon-upper         "QUONMARK COMPUTER INCORPORATION"
#   quon-lower         "quonmark computer inc."
#   quon-incorporated  "Quonmark Computer Incorporated"
#   cpuid-sarlu        "CPUID S.A.R.L.U."
#   cpuid              "CPUID"
#   other              "Halvard Instruments Ltd." (an unrelated company)
#   quon-serial        "Quonmark Computer Inc.", serial number 01 A2
#   quon-long          "Quonmark Computer Inc. Division 01, ..." of more than 260
#                      characters (past every fixed name buffer)
# The code-signing certificates are valid 2023-01-01 to
# 2039-12-31, the root CA and the time-stamping authority 2020-01-01 to
# 2049-12-31; every certificate is issued by the root "Pelorus Test Root CA".
#
# Variables for users:
#   PELORUS_PKI_DIR       the folder (root.pem, <signer>.pem, tsa.pem, ...)
#   PELORUS_PKI_ROOT      root CA certificate (PEM), for osslsigncode -CAfile
#   PELORUS_PKI_STAMP     written when the PKI is complete (use as a dependency)
#   PELORUS_SIGNERS       the short names above
#   PELORUS_TSA_TIME      the fixed time of every time stamp (Unix time)
# Target:
#   pelorus_test_pki      builds the PKI
include_guard(GLOBAL)

find_program(PELORUS_OPENSSL openssl REQUIRED)

set(PELORUS_PKI_DIR "${CMAKE_BINARY_DIR}/pki")
set(PELORUS_PKI_ROOT "${PELORUS_PKI_DIR}/root.pem")
set(PELORUS_PKI_STAMP "${PELORUS_PKI_DIR}/stamp")
set(PELORUS_SIGNERS quon quon-upper quon-lower quon-incorporated cpuid-sarlu cpuid other
                    quon-serial quon-long)
# 2024-06-01 12:00:00 UTC: inside the validity of every certificate, so a
# stamped signature verifies at that time.
set(PELORUS_TSA_TIME 1717243200)

set(_pelorus_pki_outputs "${PELORUS_PKI_STAMP}" "${PELORUS_PKI_ROOT}"
                         "${PELORUS_PKI_DIR}/tsa-chain.pem" "${PELORUS_PKI_DIR}/tsa.key")
foreach(signer IN LISTS PELORUS_SIGNERS)
  list(APPEND _pelorus_pki_outputs "${PELORUS_PKI_DIR}/${signer}-chain.pem"
       "${PELORUS_PKI_DIR}/${signer}.key")
endforeach()

add_custom_command(
  OUTPUT ${_pelorus_pki_outputs}
  COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/make-test-pki.sh" "${PELORUS_PKI_DIR}"
  DEPENDS "${PROJECT_SOURCE_DIR}/scripts/make-test-pki.sh"
  COMMENT "Generating the test PKI"
  VERBATIM)
add_custom_target(pelorus_test_pki DEPENDS ${_pelorus_pki_outputs})
unset(_pelorus_pki_outputs)
