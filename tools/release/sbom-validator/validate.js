// Validates CycloneDX JSON documents against the official schema of the version each one names,
// with the schemas and the validator that @cyclonedx/cyclonedx-library bundles (strict: no
// properties beyond the schema's). Usage: node validate.js FILE...; exits 1 when any is invalid.
'use strict'
const fs = require('fs')
const { Validation } = require('@cyclonedx/cyclonedx-library')

async function validate (file) {
  const text = fs.readFileSync(file, 'utf8')
  const version = JSON.parse(text).specVersion
  let errors
  try {
    // The validator refuses a version it has no schema for.
    errors = await new Validation.JsonStrictValidator(version).validate(text)
  } catch (error) {
    return `names no known CycloneDX version (${version}): ${error.message}`
  }
  return errors === null ? null : JSON.stringify(errors, null, 2)
}

async function main (files) {
  let bad = 0
  for (const file of files) {
    const problem = await validate(file)
    if (problem === null) {
      console.log(`sbom-validator: ${file} is valid`)
    } else {
      console.error(`sbom-validator: ${file} is NOT valid: ${problem}`)
      bad += 1
    }
  }
  process.exitCode = files.length > 0 && bad === 0 ? 0 : 1
}

main(process.argv.slice(2)).catch((error) => {
  console.error(`sbom-validator: ${error.stack || error}`)
  process.exitCode = 1
})
