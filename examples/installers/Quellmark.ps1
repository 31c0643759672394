# The Quellmark section as a PowerShell DSC configuration: the test asks --check (exit 0: an
# install would change nothing; 3: it would), the set installs. docs/installers.md explains it.
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
            # 0: the section is there; 3: an install would change the file. Every other
            # status throws with the tool's own reason (its line on standard error).
            TestScript = {
                $config = "$env:windir\System32\inetsrv\config\applicationHost.config"
                $output = & $using:Tool --check $config 2>&1 | Out-String
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
            # Another program holding the file (7) is retried, a few times, five seconds apart.
            SetScript  = {
                $config = "$env:windir\System32\inetsrv\config\applicationHost.config"
                for ($attempt = 1; ; $attempt++) {
                    $output = & $using:Tool $config 2>&1 | Out-String
                    if ($LASTEXITCODE -ne 7 -or $attempt -ge 4) { break }
                    Start-Sleep -Seconds 5
                }
                if ($LASTEXITCODE -ne 0) { throw "QuellmarkInstaller: status ${LASTEXITCODE}: $output" }
            }
        }
    }
}
