BeforeAll {
    . (Join-Path $PSScriptRoot 'testing/TestSupport.ps1')
    . (Join-Path $PSScriptRoot 'Test-DownloadsPermissionsApplies.ps1')
}

# "Path" as the tool reads it: the value's bytes as UTF-16 up to the first NUL,
# whatever its type; nothing when it does not fit the tool's 4096 bytes.
Describe 'The text the tool examines' {
    It '<Case>' -ForEach @(
        @{ Case = 'a string'; Kind = 'String'; Value = 'C:\Agent'; Text = 'C:\Agent' }
        @{ Case = 'an expandable string, never expanded'; Kind = 'ExpandString'; Value = '%ProgramFiles%\Agent'; Text = '%ProgramFiles%\Agent' }
        @{ Case = 'a multi-string: its first'; Kind = 'MultiString'; Value = @('C:\Agent', 'C:\Other'); Text = 'C:\Agent' }
        @{ Case = 'a number: its bytes'; Kind = 'DWord'; Value = 1; Text = [string][char]1 }
        @{ Case = 'a 64-bit number'; Kind = 'QWord'; Value = [long]0x0041; Text = 'A' }
        @{ Case = 'binary, unterminated'; Kind = 'Binary'; Value = [Text.Encoding]::Unicode.GetBytes('C:\Agent'); Text = 'C:\Agent' }
        @{ Case = 'binary of odd length'; Kind = 'Binary'; Value = [Text.Encoding]::Unicode.GetBytes('C:\Agent') + [byte]0x41; Text = 'C:\AgentA' }
        @{ Case = 'no type'; Kind = 'None'; Value = [Text.Encoding]::Unicode.GetBytes("C:\Agent`0junk"); Text = 'C:\Agent' }
        @{ Case = 'a string that fills the buffer'; Kind = 'String'; Value = 'a' * 2047; Text = 'a' * 2047 }
        @{ Case = 'a string one over it'; Kind = 'String'; Value = 'a' * 2048; Text = $null }
        @{ Case = 'binary that fills it, unterminated'; Kind = 'Binary'; Value = [byte[]](@(0x61, 0) * 2048); Text = 'a' * 2048 }
    ) {
        ConvertTo-ToolText (ConvertTo-ValueBytes $Kind $Value) | Should -Be $Text
    }
}

Describe 'Test-RepairApplies' {
    BeforeEach {
        Mock Get-AgentKey { [pscustomobject]@{ State = 'open'; Kind = 'String'; Value = 'C:\Agent' } }
        Mock Get-AppDataFolder { 'C:\ProgramData' }
        Mock Test-Folder { $true }
        Mock Get-PathKind { 'folder' }
    }

    It 'is <Applies> where <Case>' -ForEach @(
        @{ Case = 'the tool would act'; Applies = $true; Change = { return } }
        @{ Case = 'the key is missing'; Applies = $false; Change = { Mock Get-AgentKey { [pscustomobject]@{ State = 'missing'; Kind = $null; Value = $null } } } }
        @{ Case = 'the key refuses full access (the tool ends with 5)'; Applies = $true
            Change = { Mock Get-AgentKey { [pscustomobject]@{ State = 'refused'; Kind = $null; Value = $null } }; Mock Test-Folder { $false } } }
        @{ Case = 'the key refuses full access and Downloads is missing'; Applies = $false
            Change = { Mock Get-AgentKey { [pscustomobject]@{ State = 'refused'; Kind = $null; Value = $null } }; Mock Get-PathKind { 'missing' } -ParameterFilter { $Path -like '*\Downloads' } } }
        @{ Case = 'Path is missing'; Applies = $false; Change = { Mock Get-AgentKey { [pscustomobject]@{ State = 'open'; Kind = $null; Value = $null } } } }
        @{ Case = 'Path names no folder'; Applies = $false; Change = { Mock Test-Folder { $false } -ParameterFilter { $Path -eq 'C:\Agent' } } }
        @{ Case = 'Path is empty'; Applies = $false; Change = { Mock Get-AgentKey { [pscustomobject]@{ State = 'open'; Kind = 'String'; Value = '' } } } }
        @{ Case = 'Downloads is missing'; Applies = $false; Change = { Mock Get-PathKind { 'missing' } -ParameterFilter { $Path -eq 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads' } } }
        @{ Case = 'Downloads is a file (the tool ends with 267)'; Applies = $true; Change = { Mock Get-PathKind { 'file' } -ParameterFilter { $Path -like '*\Downloads' } } }
        @{ Case = 'a junction on the way leads nowhere (681)'; Applies = $true
            Change = { Mock Get-PathKind { 'link' } -ParameterFilter { $Path -like '*\Morvane Devices Agent' }; Mock Get-PathKind { 'missing' } -ParameterFilter { $Path -like '*\Downloads' } } }
    ) {
        & $Change
        Test-RepairApplies | Should -Be $Applies
    }

    It 'says what failed on standard error with exit status 1, never a quiet False' {
        # PowerShell on Linux has no Windows registry: the read fails.
        $run = Invoke-PowerShellProcess "& '$(Join-Path $PSScriptRoot 'Test-DownloadsPermissionsApplies.ps1')'; exit `$LASTEXITCODE"
        $run.Status | Should -Be 1
        $run.Out | Should -BeNullOrEmpty
        $run.Err | Should -HaveCount 1
    }
}
