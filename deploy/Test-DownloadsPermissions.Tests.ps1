BeforeAll {
    . (Join-Path $PSScriptRoot 'testing/TestSupport.ps1')
    . (Join-Path $PSScriptRoot 'Test-DownloadsPermissions.ps1')

    # Entries as Get-FolderFacts hands them over: SID, type, rights, inherited,
    # inheritance and propagation flags (ObjectInherit 1, ContainerInherit 2;
    # InheritOnly 2).
    function Entry([string]$Sid, [int]$Rights, [bool]$Inherited = $false, [int]$Inheritance = 3, [int]$Propagation = 0, [string]$Type = 'Allow') {
        [pscustomobject]@{ Sid = $Sid; Type = $Type; Rights = $Rights; Inherited = $Inherited; Inheritance = $Inheritance; Propagation = $Propagation }
    }
    $system = 'S-1-5-18'; $admins = 'S-1-5-32-544'; $users = 'S-1-5-32-545'; $user = 'S-1-5-21-1-2-3-1001'
    $modify = 0x1301BF; $readExecute = 0x1200A9
    # The 32-bit program-files folder's explicit entries, in the form they take
    # on a stock Windows (fewer of them, the same kinds).
    $programFilesEntries = @(
        (Entry $system $modify -Inheritance 0), (Entry $system 0x10000000 -Propagation 2),
        (Entry $admins $modify -Inheritance 0), (Entry $users $readExecute -Inheritance 0),
        (Entry 'S-1-3-0' 0x10000000 -Propagation 2))
    function Folder([string]$Path, [string]$Owner = $system, $Entries = @(), [bool]$IsFolder = $true, [bool]$IsReparsePoint = $false) {
        [pscustomobject]@{ Path = $Path; IsFolder = $IsFolder; IsReparsePoint = $IsReparsePoint; Owner = $Owner; Entries = @($Entries) }
    }
    function Get-Verdict($Downloads, $Vendor = (Folder 'V'), $Agent = (Folder 'A')) {
        $checks = @(Get-Checks -Way @($Vendor, $Agent, $Downloads) -ProgramFiles (Folder 'PF' -Entries $programFilesEntries))
        @(Format-Verdict -Checks $checks)
    }
}

Describe 'Detection' {
    It 'says repaired where <Case>' -ForEach @(
        @{ Case = 'Downloads carries the list and inherits nothing'; Extra = @() }
        @{ Case = 'it also inherits a read entry'; Extra = @(, @('S-1-5-32-545', 0x1200A9, $true)) }
    ) {
        $entries = $programFilesEntries + @($Extra | ForEach-Object { Entry $_[0] $_[1] $_[2] })
        Get-Verdict (Folder 'D' -Entries $entries) | Should -Be 'Downloads access list repaired'
    }

    It 'says nothing where <Case>' -ForEach @(
        @{ Case = 'a user owns Downloads'; Downloads = { Folder 'D' -Owner $user -Entries $programFilesEntries } }
        @{ Case = 'Downloads is a junction'; Downloads = { Folder 'D' -IsReparsePoint $true -Entries $programFilesEntries } }
        @{ Case = 'Downloads is missing'; Downloads = { Folder 'D' -IsFolder $false } }
        @{ Case = 'an entry is missing'; Downloads = { Folder 'D' -Entries $programFilesEntries[0..3] } }
        @{ Case = 'the entries are in another order'; Downloads = { Folder 'D' -Entries ($programFilesEntries[1, 0, 2, 3, 4]) } }
        @{ Case = 'users may write Downloads'; Downloads = { Folder 'D' -Entries ($programFilesEntries + (Entry $users 0x2 $true)) } }
    ) {
        Get-Verdict (& $Downloads) | Should -BeNullOrEmpty
    }

    It 'explains every check with -Explain, and says when it is not repaired' {
        $lines = @(Format-Verdict -Explain -Checks @(Get-Checks -Way @((Folder 'V'), (Folder 'A' -Owner $user), (Folder 'D' -Entries $programFilesEntries)) `
                    -ProgramFiles (Folder 'PF' -Entries $programFilesEntries)))
        $lines | Should -Contain "FAIL  owner of A: $user, who may change the list again at any time"
        $lines[-1] | Should -Be 'Downloads access list not repaired'
    }

    It 'writes nothing to standard error where it cannot read the folders, and exits 0' {
        # PowerShell on Linux has no Windows access lists: every read fails.
        $run = Invoke-PowerShellProcess "& '$(Join-Path $PSScriptRoot 'Test-DownloadsPermissions.ps1')'; exit `$LASTEXITCODE"
        $run.Status | Should -Be 0
        $run.Out | Should -BeNullOrEmpty
        $run.Err | Should -BeNullOrEmpty
    }
}
