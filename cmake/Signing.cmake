# Authenticode signing with the test PKI (cmake/TestPki.cmake) and
# osslsigncode 2.7 or later (for its built-in time-stamping authority).
#
#   pelorus_sign(<target> <signer> [TIMESTAMP])
#     Signs the target's file in place after every build of it: osslsigncode
#     writes a signed copy, which then replaces the file. <signer> is a short
#     name from PELORUS_SIGNERS (quon, quon-upper, quon-lower,
#     quon-incorporated, cpuid-sarlu, cpuid, other, quon-serial, quon-long).
#     TIMESTAMP adds an RFC 3161 time stamp from the test time-stamping
#     authority at the fixed time PELORUS_TSA_TIME. The target relinks (and
#     so is signed again) when the PKI is regenerated.
#
#   pelorus_signed_copy(<target> <signer> <output> [TIMESTAMP])
#     Writes a signed copy of the target's file to <output>, leaving the
#     target itself as it is (for tests that need the same binary signed by
#     several signers, or an unsigned original next to signed copies). The
#     copies are built by the target <target>_signed_copies, part of "all".
#
# PELORUS_SIGN (default ON on a Linux or other Unix build host) turns signing
# on; without it (a Visual Studio build, which has neither openssl nor
# osslsigncode) both functions do nothing.
include_guard(GLOBAL)

option(PELORUS_SIGN "Sign binaries with the test PKI (openssl, osslsigncode)" ${CMAKE_HOST_UNIX})
if(NOT PELORUS_SIGN)
  function(pelorus_sign)
  endfunction()
  function(pelorus_signed_copy)
  endfunction()
  return()
endif()

include(TestPki)

find_program(PELORUS_OSSLSIGNCODE osslsigncode REQUIRED)
execute_process(COMMAND "${PELORUS_OSSLSIGNCODE}" --version OUTPUT_VARIABLE _pelorus_osc_version
                ERROR_QUIET)
string(REGEX MATCH "osslsigncode ([0-9]+\\.[0-9]+)" _pelorus_osc_match "${_pelorus_osc_version}")
if(NOT CMAKE_MATCH_1 OR CMAKE_MATCH_1 VERSION_LESS 2.7)
  message(FATAL_ERROR "osslsigncode 2.7 or later is needed for its built-in time-stamping "
                      "authority (found '${CMAKE_MATCH_1}'): run scripts/setup.sh")
endif()
unset(_pelorus_osc_version)
unset(_pelorus_osc_match)

# The osslsigncode command line that signs <in> into <out>, in <var>.
function(_pelorus_sign_command var signer in out timestamp)
  if(NOT signer IN_LIST PELORUS_SIGNERS)
    message(FATAL_ERROR "unknown signer '${signer}'; known: ${PELORUS_SIGNERS}")
  endif()
  set(cmd "${PELORUS_OSSLSIGNCODE}" sign -h sha256 -certs "${PELORUS_PKI_DIR}/${signer}-chain.pem"
          -key "${PELORUS_PKI_DIR}/${signer}.key")
  if(timestamp)
    list(APPEND cmd -TSA-certs "${PELORUS_PKI_DIR}/tsa-chain.pem" -TSA-key
         "${PELORUS_PKI_DIR}/tsa.key" -TSA-time ${PELORUS_TSA_TIME})
  endif()
  # osslsigncode refuses to overwrite an existing output file.
  set(${var} "${CMAKE_COMMAND}" -E rm -f "${out}" COMMAND ${cmd} -in "${in}" -out "${out}"
      PARENT_SCOPE)
endfunction()

function(pelorus_sign target signer)
  cmake_parse_arguments(PARSE_ARGV 2 arg "TIMESTAMP" "" "")
  set(file "$<TARGET_FILE:${target}>")
  _pelorus_sign_command(cmd ${signer} "${file}" "${file}.signing" "${arg_TIMESTAMP}")
  add_custom_command(
    TARGET ${target} POST_BUILD
    COMMAND ${cmd}
    COMMAND "${CMAKE_COMMAND}" -E rename "${file}.signing" "${file}"
    COMMENT "Signing $<TARGET_FILE_NAME:${target}> as ${signer}"
    VERBATIM)
  add_dependencies(${target} pelorus_test_pki)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${PELORUS_PKI_STAMP}")
endfunction()

function(pelorus_signed_copy target signer output)
  cmake_parse_arguments(PARSE_ARGV 3 arg "TIMESTAMP" "" "")
  _pelorus_sign_command(cmd ${signer} "$<TARGET_FILE:${target}>" "${output}" "${arg_TIMESTAMP}")
  add_custom_command(
    OUTPUT "${output}"
    COMMAND ${cmd}
    DEPENDS ${target} "${PELORUS_PKI_STAMP}"
    COMMENT "Signing a copy of $<TARGET_FILE_NAME:${target}> as ${signer}"
    VERBATIM)
  if(NOT TARGET ${target}_signed_copies)
    add_custom_target(${target}_signed_copies ALL)
  endif()
  # One custom target per copy keeps the outputs' rules in this directory.
  get_filename_component(name "${output}" NAME)
  string(MAKE_C_IDENTIFIER "${name}" id)
  add_custom_target(${target}_copy_${id} DEPENDS "${output}")
  add_dependencies(${target}_signed_copies ${target}_copy_${id})
endfunction()
