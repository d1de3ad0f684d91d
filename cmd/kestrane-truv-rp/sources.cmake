# The tool's units, less its entry point: the one list that the main build
# and the fuzz build (fuzz/) both link.
set(KTRP_TOOL_SOURCES
  account_balance.cc
  commands.cc
  config_reader.cc
  die.cc
  files.cc
  flags.cc
  fsutil.cc
  identity.cc
  int_conversion.cc
  json.cc
  key_syntax.cc
  line_edit.cc
  lockfile.cc
  options.cc
  paths.cc
  quote.cc
  registration_doc.cc
  registration_export.cc
  registration_import.cc
  registry.cc
  select_edit.cc
  upstream_changes.cc
  weights.cc)
list(TRANSFORM KTRP_TOOL_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
