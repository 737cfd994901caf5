# The libFuzzer targets, fuzz/<name>.cpp with seeds in fuzz/corpus/<name>/, one a line. Built
# with clang by fuzz/CMakeLists.txt (./run fuzz NAME SECONDS); their seeds are replayed by the
# test suite (tests/CMakeLists.txt).
set(DORVIK_FUZZERS
  asn1_decoder_fuzzer
  certificate_description_fuzzer
  encoding_decode_fuzzer
  encoding_roundtrip_fuzzer
  host_cmdline_fuzzer
  host_frame_fuzzer
  host_request_fuzzer
  path_expand_fuzzer
  pdf_loader_fuzzer
  pkcs12_fuzzer
  plugin_request_fuzzer
  signed_data_report_fuzzer
  signing_request_text_fuzzer
  timestamp_response_fuzzer
  xml_conversion_fuzzer
  xml_expression_fuzzer
  xml_reader_fuzzer)
