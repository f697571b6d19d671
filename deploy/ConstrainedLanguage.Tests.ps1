# Under AppLocker or WDAC script enforcement an unsigned script runs in
# ConstrainedLanguage mode, where none of these scripts can read what it
# needs. Each must then refuse loudly, never answer wrongly in silence.
BeforeAll {
    . (Join-Path $PSScriptRoot 'testing/TestSupport.ps1')
}

Describe 'In ConstrainedLanguage mode' {
    It '<Script> refuses in one line on standard error, with exit status 1' -ForEach @(
        @{ Script = 'Test-DownloadsPermissions.ps1'; Arguments = '' }
        @{ Script = 'Test-DownloadsPermissions.ps1'; Arguments = '-Explain' }
        @{ Script = 'Test-DownloadsPermissionsApplies.ps1'; Arguments = '' }
        @{ Script = 'Invoke-DownloadsPermissions.ps1'; Arguments = '-ComputerName pc1' }
        @{ Script = 'Get-DownloadsExposure.ps1'; Arguments = '-Summary' }
    ) {
        $run = Invoke-ConstrainedScript -Script (Join-Path $PSScriptRoot $Script) -Arguments $Arguments
        $run.Out | Should -BeNullOrEmpty
        $run.Err | Should -HaveCount 1
        $run.Err[0] | Should -Match "\[$([regex]::Escape($Script))\], needs FullLanguage; use the signed copy"
        $run.Status | Should -Be 1
    }
}
