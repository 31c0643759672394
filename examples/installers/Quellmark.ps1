# The Quellmark section as a PowerShell DSC configuration. Ensure = 'Present': the test asks
# --check (exit 0: an install would change nothing; 3: it would), the set installs. Ensure =
# 'Absent': the test looks for the block's marker line, the set runs --uninstall, and a block
# that the module's settings still use (exit 9) is kept with a warning. docs/installers.md
# explains it.
#   . .\Quellmark.ps1; Quellmark; Start-DscConfiguration -Path .\Quellmark -Wait -Verbose
Configuration Quellmark {
    param(
        [ValidateSet('Present', 'Absent')]
        [string] $Ensure = 'Present',
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
                $ErrorActionPreference = 'Continue'
                @{ Result = (& $using:Tool --check $config 2>&1 | ForEach-Object { "$_" } | Out-String) }
            }
            # Every status but the ones named throws with the tool's own reason (its line on
            # standard error). The Script resource runs with $ErrorActionPreference = 'Stop',
            # under which Windows PowerShell 5.1 turns a native program's first line on
            # standard error into a terminating error: each call runs under 'Continue', and
            # its error records become plain lines. Another program holding the file (7) is
            # waited for, a few times, five seconds apart.
            TestScript = {
                $config = "$env:windir\System32\inetsrv\config\applicationHost.config"
                if ($using:Ensure -eq 'Absent') {
                    # A missing file has nothing to remove, as the tool's uninstall says.
                    return -not ((Test-Path -LiteralPath $config) -and
                        (Select-String -LiteralPath $config -SimpleMatch 'QUELLMARK BEGIN' -Quiet))
                }
                $ErrorActionPreference = 'Continue'
                for ($attempt = 1; ; $attempt++) {
                    $output = & $using:Tool --check $config 2>&1 | ForEach-Object { "$_" } | Out-String
                    if ($LASTEXITCODE -ne 7 -or $attempt -ge 4) { break }
                    Start-Sleep -Seconds 5
                }
                switch ($LASTEXITCODE) {
                    0 { return $true }
                    3 { return $false }
                    4 {
                        $text = 'Quellmark: this node reads a shared configuration; register the ' +
                                'section once in the shared applicationHost.config.'
                        if ($using:FailOnSharedConfiguration) { throw $text }
                        Write-Warning $text
                        return $true
                    }
                    default { throw "QuellmarkInstaller --check: status ${LASTEXITCODE}: $output" }
                }
            }
            SetScript  = {
                $config = "$env:windir\System32\inetsrv\config\applicationHost.config"
                $option = if ($using:Ensure -eq 'Absent') { @('--uninstall') } else { @() }
                $ErrorActionPreference = 'Continue'
                for ($attempt = 1; ; $attempt++) {
                    $output = & $using:Tool @option $config 2>&1 | ForEach-Object { "$_" } | Out-String
                    if ($LASTEXITCODE -ne 7 -or $attempt -ge 4) { break }
                    Start-Sleep -Seconds 5
                }
                # 9: the module's settings still use the section, which stays until they go.
                if ($LASTEXITCODE -eq 9) { Write-Warning "Quellmark: $output"; return }
                if ($LASTEXITCODE -ne 0) { throw "QuellmarkInstaller: status ${LASTEXITCODE}: $output" }
            }
        }
    }
}
