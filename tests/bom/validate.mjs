// Validates the CycloneDX 1.5 JSON document named on the command line against the
// format's schema, strictly (no property the schema does not define). Exit 1 with
// the schema's complaints when it is not valid.
import { readFileSync } from 'node:fs'
import { Validation } from '@cyclonedx/cyclonedx-library'

const errors = await new Validation.JsonStrictValidator('1.5').validate(
  readFileSync(process.argv[2], 'utf8'))
if (errors !== null) {
  for (const error of errors) console.error(`${error.instancePath}: ${error.message}`)
  process.exit(1)
}
