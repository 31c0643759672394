# The Quellmark section as a PowerShell DSC configuration: the test asks --check (exit 0: an
# install would change nothing), the set installs. docs/installers.md explains it.
#   . .\Quellmark.ps1; Quellmark; Start-DscConfiguration -Path .\Quellmark -Wait -Verbose
Configuration Quellmark {
    param(
        [string] $Tool = 'C:\Program Files\Quellmark\QuellmarkInstaller.exe',
        # A web farm node that reads a shared configuration (exit status 4) has its section
        # registered in the shared file: a warning and no change, or, with this, a failure.
        [bool] $FailOnSharedConfiguration = $false
    )
    Import-DscResource -ModuleName PSDesiredStateConfiguration

    Node 'localhost' {
        Script QuellmarkSection {
            GetScript  = {
                $config = "$env:windir\System32\inetsrv\config\applicationHost.config"
                @{ Result = (& $using:Tool --check $config | Out-String) }
            }
            TestScript = {
                $config = "$env:windir\System32\inetsrv\config\applicationHost.config"
                & $using:Tool --check $config | Out-Null
                if ($LASTEXITCODE -eq 4) {
                    $text = 'Quellmark: this node reads a shared configuration; register the ' +
                            'section once in the shared applicationHost.config.'
                    if ($using:FailOnSharedConfiguration) { throw $text }
                    Write-Warning $text
                    return $true
                }
                $LASTEXITCODE -eq 0
            }
            SetScript  = {
                $config = "$env:windir\System32\inetsrv\config\applicationHost.config"
                & $using:Tool $config
                if ($LASTEXITCODE -ne 0) { throw "QuellmarkInstaller failed with status $LASTEXITCODE" }
            }
        }
    }
}
